# The files of kivra's web page, copied into the package beside kivra/tools/web.py.
# uPlot comes from npm (scripts/setup.sh puts it in .deps/node); without it
# the package still builds and the page says what is missing.
set(KIVRA_UPLOT_DIR ${PROJECT_SOURCE_DIR}/.deps/node/node_modules/uplot/dist
    CACHE PATH "folder holding uPlot.iife.min.js and uPlot.min.css")
file(GLOB kivra_web_static_files CONFIGURE_DEPENDS ${KIVRA_PACKAGE_SOURCE}/tools/web_static/*)
set(kivra_uplot_files ${KIVRA_UPLOT_DIR}/uPlot.iife.min.js ${KIVRA_UPLOT_DIR}/uPlot.min.css)
foreach(file ${kivra_uplot_files})
  if(EXISTS ${file})
    list(APPEND kivra_web_static_files ${file})
  else()
    message(WARNING "${file} is missing: the web page of 'kivra monitor --web' will have no plots "
                    "(run scripts/setup.sh and configure again)")
  endif()
endforeach()
foreach(file ${kivra_web_static_files})
  get_filename_component(name ${file} NAME)
  add_custom_command(
    OUTPUT ${KIVRA_PACKAGE_DIR}/tools/web_static/${name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KIVRA_PACKAGE_DIR}/tools/web_static
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${file} ${KIVRA_PACKAGE_DIR}/tools/web_static/${name}
    DEPENDS ${file}
    VERBATIM)
  list(APPEND kivra_package_copies ${KIVRA_PACKAGE_DIR}/tools/web_static/${name})
endforeach()
