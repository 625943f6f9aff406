
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/wt/package/platform/adapters.cpp" "CMakeFiles/platform.dir/platform/adapters.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/adapters.cpp.o.d"
  "/work/wt/package/platform/bstr.cpp" "CMakeFiles/platform.dir/platform/bstr.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/bstr.cpp.o.d"
  "/work/wt/package/platform/cert_chain.cpp" "CMakeFiles/platform.dir/platform/cert_chain.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/cert_chain.cpp.o.d"
  "/work/wt/package/platform/cert_context.cpp" "CMakeFiles/platform.dir/platform/cert_context.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/cert_context.cpp.o.d"
  "/work/wt/package/platform/cert_name.cpp" "CMakeFiles/platform.dir/platform/cert_name.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/cert_name.cpp.o.d"
  "/work/wt/package/platform/cert_store.cpp" "CMakeFiles/platform.dir/platform/cert_store.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/cert_store.cpp.o.d"
  "/work/wt/package/platform/codepage.cpp" "CMakeFiles/platform.dir/platform/codepage.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/codepage.cpp.o.d"
  "/work/wt/package/platform/com_runtime.cpp" "CMakeFiles/platform.dir/platform/com_runtime.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/com_runtime.cpp.o.d"
  "/work/wt/package/platform/crypt_encode.cpp" "CMakeFiles/platform.dir/platform/crypt_encode.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/crypt_encode.cpp.o.d"
  "/work/wt/package/platform/crypt_hash.cpp" "CMakeFiles/platform.dir/platform/crypt_hash.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/crypt_hash.cpp.o.d"
  "/work/wt/package/platform/crypt_msg.cpp" "CMakeFiles/platform.dir/platform/crypt_msg.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/crypt_msg.cpp.o.d"
  "/work/wt/package/platform/crypt_sign.cpp" "CMakeFiles/platform.dir/platform/crypt_sign.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/crypt_sign.cpp.o.d"
  "/work/wt/package/platform/der.cpp" "CMakeFiles/platform.dir/platform/der.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/der.cpp.o.d"
  "/work/wt/package/platform/encode_object.cpp" "CMakeFiles/platform.dir/platform/encode_object.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/encode_object.cpp.o.d"
  "/work/wt/package/platform/files.cpp" "CMakeFiles/platform.dir/platform/files.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/files.cpp.o.d"
  "/work/wt/package/platform/filetime.cpp" "CMakeFiles/platform.dir/platform/filetime.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/filetime.cpp.o.d"
  "/work/wt/package/platform/key_container.cpp" "CMakeFiles/platform.dir/platform/key_container.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/key_container.cpp.o.d"
  "/work/wt/package/platform/key_export.cpp" "CMakeFiles/platform.dir/platform/key_export.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/key_export.cpp.o.d"
  "/work/wt/package/platform/last_error.cpp" "CMakeFiles/platform.dir/platform/last_error.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/last_error.cpp.o.d"
  "/work/wt/package/platform/machine_hive.cpp" "CMakeFiles/platform.dir/platform/machine_hive.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/machine_hive.cpp.o.d"
  "/work/wt/package/platform/messages.cpp" "CMakeFiles/platform.dir/platform/messages.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/messages.cpp.o.d"
  "/work/wt/package/platform/pfx.cpp" "CMakeFiles/platform.dir/platform/pfx.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/pfx.cpp.o.d"
  "/work/wt/package/platform/pfx_export.cpp" "CMakeFiles/platform.dir/platform/pfx_export.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/pfx_export.cpp.o.d"
  "/work/wt/package/platform/pkcs11.cpp" "CMakeFiles/platform.dir/platform/pkcs11.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/pkcs11.cpp.o.d"
  "/work/wt/package/platform/process_identity.cpp" "CMakeFiles/platform.dir/platform/process_identity.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/process_identity.cpp.o.d"
  "/work/wt/package/platform/registry.cpp" "CMakeFiles/platform.dir/platform/registry.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/registry.cpp.o.d"
  "/work/wt/package/platform/rpc.cpp" "CMakeFiles/platform.dir/platform/rpc.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/rpc.cpp.o.d"
  "/work/wt/package/platform/shell.cpp" "CMakeFiles/platform.dir/platform/shell.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/shell.cpp.o.d"
  "/work/wt/package/platform/sysinfo.cpp" "CMakeFiles/platform.dir/platform/sysinfo.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/sysinfo.cpp.o.d"
  "/work/wt/package/platform/temporary_keys.cpp" "CMakeFiles/platform.dir/platform/temporary_keys.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/temporary_keys.cpp.o.d"
  "/work/wt/package/platform/token_provider.cpp" "CMakeFiles/platform.dir/platform/token_provider.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/token_provider.cpp.o.d"
  "/work/wt/package/platform/user_database.cpp" "CMakeFiles/platform.dir/platform/user_database.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/user_database.cpp.o.d"
  "/work/wt/package/platform/variant.cpp" "CMakeFiles/platform.dir/platform/variant.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/variant.cpp.o.d"
  "/work/wt/package/platform/version_info.cpp" "CMakeFiles/platform.dir/platform/version_info.cpp.o" "gcc" "CMakeFiles/platform.dir/platform/version_info.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
