# The viewer moz-deepzoom copies beside each pyramid: OpenSeadragon from the
# npm registry, at the version viewer/package-lock.json pins. It is staged in
# the build tree as share/tiletools/viewer, where it is installed too, so the
# tool finds it beside its bin/ either way. Without npm (or the registry) the
# tools still build, and moz-deepzoom writes pyramids without index.html.
set(viewer_stage ${PROJECT_BINARY_DIR}/share/tiletools/viewer)
set(viewer_npm ${PROJECT_BINARY_DIR}/viewer-npm)
find_program(NPM npm)
if(NOT EXISTS ${viewer_stage}/openseadragon.min.js)
  if(NPM)
    file(COPY ${PROJECT_SOURCE_DIR}/viewer/package.json ${PROJECT_SOURCE_DIR}/viewer/package-lock.json
         DESTINATION ${viewer_npm})
    execute_process(COMMAND ${NPM} ci --ignore-scripts --no-audit --no-fund
      WORKING_DIRECTORY ${viewer_npm} RESULT_VARIABLE npm_status OUTPUT_QUIET ERROR_QUIET)
    set(package ${viewer_npm}/node_modules/openseadragon)
    if(npm_status EQUAL 0 AND EXISTS ${package}/build/openseadragon/openseadragon.min.js)
      file(COPY ${package}/build/openseadragon/openseadragon.min.js
                ${package}/build/openseadragon/images ${package}/LICENSE.txt
           DESTINATION ${viewer_stage})
    else()
      message(STATUS "moz-deepzoom will leave index.html out: npm ci of the viewer failed")
    endif()
  else()
    message(STATUS "moz-deepzoom will leave index.html out: npm is not installed (Debian: npm)")
  endif()
endif()
if(EXISTS ${viewer_stage}/openseadragon.min.js)
  install(DIRECTORY ${viewer_stage} DESTINATION ${CMAKE_INSTALL_DATADIR}/tiletools)
endif()
