// Puts the page together as one file that needs nothing else:
//   node build.mjs NODE_MODULES WASM OUT.html VERSION
// The workers' script and the page's are bundled with their npm packages
// (esbuild, from NODE_MODULES, where web/package-lock.json's packages are
// installed), the WebAssembly goes in as base64 and the style sheet as it is.
import { readFileSync, writeFileSync, renameSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const [modules, wasm, out, version] = process.argv.slice(2);
const here = dirname(fileURLToPath(import.meta.url));
const { build } = await import(pathToFileURL(join(modules, "esbuild/lib/main.js")).href);

async function bundle(entry) {
  const result = await build({
    entryPoints: [join(here, entry)],
    nodePaths: [modules],
    bundle: true,
    minify: true,
    format: "iife",
    target: "es2022",
    write: false,
    legalComments: "inline",
    logLevel: "warning",
  });
  // Inline in the page, the text must not close its own script element.
  return result.outputFiles[0].text.replaceAll("</script", "<\\/script");
}

const parts = {
  "@VERSION@": version,
  "@CSS@": readFileSync(join(here, "page.css"), "utf8"),
  "@WASM@": readFileSync(wasm).toString("base64"),
  "@WORKER@": await bundle("worker.js"),
  "@PAGE@": await bundle("page.js"),
};
let page = readFileSync(join(here, "page.html"), "utf8");
for (const [mark, text] of Object.entries(parts)) page = page.split(mark).join(text);
// Written beside its name and renamed, so a build that fails leaves no half page.
writeFileSync(`${out}.partial`, page);
renameSync(`${out}.partial`, out);
