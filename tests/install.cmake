# Installs into a scratch prefix and runs the installed tools on the samples.
cmake_policy(VERSION 3.25)
separate_arguments(EMULATOR)
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
  RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

foreach(tool ${TOOLS})
  if(NOT EXISTS ${PREFIX}/bin/${tool} OR NOT EXISTS ${PREFIX}/share/man/man1/${tool}.1)
    message(FATAL_ERROR "${tool} or its manual page was not installed")
  endif()
endforeach()

foreach(run "tiz-tilelist;scene.tiz;Found TIZ file version 0 with 12 tiles\n"
            "moz-gridcheck;scene.moz;Found MOZ file version 0 of size 200 x 130 \\(12 tiles\\)\n$")
  list(GET run 0 tool)
  list(GET run 1 sample)
  list(GET run 2 expected)
  execute_process(COMMAND ${EMULATOR} ${PREFIX}/bin/${tool} ${SAMPLES}/${sample}
    RESULT_VARIABLE status OUTPUT_VARIABLE out)
  if(NOT status EQUAL 0 OR NOT out MATCHES "^${expected}")
    message(FATAL_ERROR "installed ${tool}: status ${status}, output:\n${out}")
  endif()
endforeach()
if("moz-deepzoom" IN_LIST TOOLS)
  set(dir ${PREFIX}/scene)
  execute_process(COMMAND ${EMULATOR} ${PREFIX}/bin/moz-deepzoom ${SAMPLES}/scene.moz ${dir}
    RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0 OR NOT EXISTS ${dir}/picture_files/8/3_2.jpg)
    message(FATAL_ERROR "installed moz-deepzoom: status ${status}: ${err}")
  endif()
  if(VIEWER AND NOT EXISTS ${dir}/viewer/openseadragon.min.js)
    message(FATAL_ERROR "installed moz-deepzoom left its viewer out: ${err}")
  endif()
endif()
message("installed tools run")
