# ophost serve: the preview server (its own HTTP server), and the page it sends compiled into the
# program.
find_package(Threads REQUIRED)

set(OPHOST_WEB_FILES index.html app.js style.css)
list(JOIN OPHOST_WEB_FILES "," ophost_web_names)
list(TRANSFORM OPHOST_WEB_FILES PREPEND ${CMAKE_CURRENT_LIST_DIR}/web/ OUTPUT_VARIABLE ophost_web_sources)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp
          -DSOURCE_DIR=${CMAKE_CURRENT_LIST_DIR}/web -DFILES=${ophost_web_names}
          -P ${CMAKE_CURRENT_LIST_DIR}/web/embed.cmake
  DEPENDS ${ophost_web_sources} ${CMAKE_CURRENT_LIST_DIR}/web/embed.cmake
  COMMENT "Compiling the ophost serve page into the program"
  VERBATIM)

add_library(ophost_serve STATIC
  ${CMAKE_CURRENT_LIST_DIR}/serve.cpp ${CMAKE_CURRENT_LIST_DIR}/http_server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/preview_server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/preview_service.cpp ${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp)
target_include_directories(ophost_serve PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ophost_serve PUBLIC ophost_cli Threads::Threads)
target_compile_options(ophost_serve PRIVATE ${OP_WARNINGS})
target_link_libraries(ophost PRIVATE ophost_serve)
