# npm packages the build needs, each pinned by a folder's package-lock.json:
# tiletools_npm_ci(FOLDER DIR RESULT) installs FOLDER's packages into the build
# tree's DIR (npm ci, no install scripts) once, and again when the lock file
# changes; RESULT is TRUE when they are there, else the reason they are not.
find_program(NPM npm)

function(tiletools_npm_ci folder dir result)
  if(NOT NPM)
    set(${result} "npm is not installed (Debian: npm)" PARENT_SCOPE)
    return()
  endif()
  set(lock ${PROJECT_SOURCE_DIR}/${folder}/package-lock.json)
  file(SHA256 ${lock} hash)
  if(EXISTS ${dir}/installed-lock)
    file(READ ${dir}/installed-lock installed)
    if(installed STREQUAL hash)
      set(${result} TRUE PARENT_SCOPE)
      return()
    endif()
  endif()
  file(COPY ${PROJECT_SOURCE_DIR}/${folder}/package.json ${lock} DESTINATION ${dir})
  execute_process(COMMAND ${NPM} ci --ignore-scripts --no-audit --no-fund
    WORKING_DIRECTORY ${dir} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(status EQUAL 0)
    file(WRITE ${dir}/installed-lock ${hash})
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} "npm ci of ${folder}/ failed (is the npm registry reachable?)" PARENT_SCOPE)
  endif()
endfunction()
