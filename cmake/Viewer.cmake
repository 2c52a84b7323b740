# The viewer moz-deepzoom copies beside each pyramid: OpenSeadragon from the
# npm registry, at the version web/package-lock.json pins with the rest of
# the browser side. It is staged in
# the build tree as share/tiletools/viewer, where it is installed too, so the
# tool finds it beside its bin/ either way. Without npm (or the registry) the
# tools still build, and moz-deepzoom writes pyramids without index.html.
set(viewer_stage ${PROJECT_BINARY_DIR}/share/tiletools/viewer)
if(NOT EXISTS ${viewer_stage}/openseadragon.min.js)
  tiletools_npm_ci(web ${TILETOOLS_NPM_DIR} viewer_npm)
  set(package ${TILETOOLS_NPM_DIR}/node_modules/openseadragon)
  if(viewer_npm STREQUAL TRUE AND EXISTS ${package}/build/openseadragon/openseadragon.min.js)
    file(COPY ${package}/build/openseadragon/openseadragon.min.js
              ${package}/build/openseadragon/images ${package}/LICENSE.txt
         DESTINATION ${viewer_stage})
  else()
    message(STATUS "moz-deepzoom will leave index.html out: ${viewer_npm}")
  endif()
endif()
if(EXISTS ${viewer_stage}/openseadragon.min.js)
  install(DIRECTORY ${viewer_stage} DESTINATION ${CMAKE_INSTALL_DATADIR}/tiletools)
endif()
