# add_operator_plugin(NAME HOSTLIBS...)
#
# Builds build/plugins/NAME.so from ops/NAME/src/NAME.cpp. A plug-in carries its own copy of the
# operator frame (header-only), needs exactly the host libraries named plus libc/libm, exports only
# OperatorAction and GetOperatorInfo, and uses no C++ runtime: no exceptions, no RTTI, nothing of
# libstdc++ that needs linking.
set(OP_PLUGIN_DIR ${CMAKE_BINARY_DIR}/plugins)

function(add_operator_plugin name)
  add_library(${name} MODULE ${CMAKE_CURRENT_SOURCE_DIR}/src/${name}.cpp)
  target_link_libraries(${name} PRIVATE operator_frame ${ARGN})
  target_compile_options(${name} PRIVATE ${OP_WARNINGS}
    -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fno-threadsafe-statics)
  # Under the sanitizers a plug-in calls into their runtime, which the loading program carries (clang)
  # or which comes as a library of its own (gcc): undefined symbols are allowed there.
  if(OP_SANITIZERS)
    set(defs_options)
  else()
    set(defs_options -Wl,--no-undefined -Wl,-z,defs)
  endif()
  target_link_options(${name} PRIVATE
    -Wl,--as-needed ${defs_options} -Wl,-z,now
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/plugin_exports.map)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${OP_PLUGIN_DIR}
    LINKER_LANGUAGE C
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN/../lib"
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/plugin_exports.map)
  # RUNPATH rather than RPATH, so LD_LIBRARY_PATH can still point a plug-in at another host.
  target_link_options(${name} PRIVATE -Wl,--enable-new-dtags)
endfunction()
