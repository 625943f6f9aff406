
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/wt/package/control/capi_engine.cpp" "CMakeFiles/engine.dir/control/capi_engine.cpp.o" "gcc" "CMakeFiles/engine.dir/control/capi_engine.cpp.o.d"
  "/work/wt/package/control/class_factory.cpp" "CMakeFiles/engine.dir/control/class_factory.cpp.o" "gcc" "CMakeFiles/engine.dir/control/class_factory.cpp.o.d"
  "/work/wt/package/control/dispatch.cpp" "CMakeFiles/engine.dir/control/dispatch.cpp.o" "gcc" "CMakeFiles/engine.dir/control/dispatch.cpp.o.d"
  "/work/wt/package/control/ks_capi.cpp" "CMakeFiles/engine.dir/control/ks_capi.cpp.o" "gcc" "CMakeFiles/engine.dir/control/ks_capi.cpp.o.d"
  "/work/wt/package/control/module_state.cpp" "CMakeFiles/engine.dir/control/module_state.cpp.o" "gcc" "CMakeFiles/engine.dir/control/module_state.cpp.o.d"
  "/work/wt/package/control/operation_table.cpp" "CMakeFiles/engine.dir/control/operation_table.cpp.o" "gcc" "CMakeFiles/engine.dir/control/operation_table.cpp.o.d"
  "/work/wt/package/control/registration.cpp" "CMakeFiles/engine.dir/control/registration.cpp.o" "gcc" "CMakeFiles/engine.dir/control/registration.cpp.o.d"
  "/work/wt/package/control/type_info.cpp" "CMakeFiles/engine.dir/control/type_info.cpp.o" "gcc" "CMakeFiles/engine.dir/control/type_info.cpp.o.d"
  "/work/wt/package/core/byte_buffer.cpp" "CMakeFiles/engine.dir/core/byte_buffer.cpp.o" "gcc" "CMakeFiles/engine.dir/core/byte_buffer.cpp.o.d"
  "/work/wt/package/core/cert_getters.cpp" "CMakeFiles/engine.dir/core/cert_getters.cpp.o" "gcc" "CMakeFiles/engine.dir/core/cert_getters.cpp.o.d"
  "/work/wt/package/core/cert_view.cpp" "CMakeFiles/engine.dir/core/cert_view.cpp.o" "gcc" "CMakeFiles/engine.dir/core/cert_view.cpp.o.d"
  "/work/wt/package/core/encodings.cpp" "CMakeFiles/engine.dir/core/encodings.cpp.o" "gcc" "CMakeFiles/engine.dir/core/encodings.cpp.o.d"
  "/work/wt/package/core/file_handle.cpp" "CMakeFiles/engine.dir/core/file_handle.cpp.o" "gcc" "CMakeFiles/engine.dir/core/file_handle.cpp.o.d"
  "/work/wt/package/core/file_reader.cpp" "CMakeFiles/engine.dir/core/file_reader.cpp.o" "gcc" "CMakeFiles/engine.dir/core/file_reader.cpp.o.d"
  "/work/wt/package/core/file_replacer.cpp" "CMakeFiles/engine.dir/core/file_replacer.cpp.o" "gcc" "CMakeFiles/engine.dir/core/file_replacer.cpp.o.d"
  "/work/wt/package/core/paths.cpp" "CMakeFiles/engine.dir/core/paths.cpp.o" "gcc" "CMakeFiles/engine.dir/core/paths.cpp.o.d"
  "/work/wt/package/core/secret_string.cpp" "CMakeFiles/engine.dir/core/secret_string.cpp.o" "gcc" "CMakeFiles/engine.dir/core/secret_string.cpp.o.d"
  "/work/wt/package/digest/block_digest.cpp" "CMakeFiles/engine.dir/digest/block_digest.cpp.o" "gcc" "CMakeFiles/engine.dir/digest/block_digest.cpp.o.d"
  "/work/wt/package/digest/cpu_features.cpp" "CMakeFiles/engine.dir/digest/cpu_features.cpp.o" "gcc" "CMakeFiles/engine.dir/digest/cpu_features.cpp.o.d"
  "/work/wt/package/digest/hash_operations.cpp" "CMakeFiles/engine.dir/digest/hash_operations.cpp.o" "gcc" "CMakeFiles/engine.dir/digest/hash_operations.cpp.o.d"
  "/work/wt/package/digest/md5_kernel.cpp" "CMakeFiles/engine.dir/digest/md5_kernel.cpp.o" "gcc" "CMakeFiles/engine.dir/digest/md5_kernel.cpp.o.d"
  "/work/wt/package/digest/sha1_kernel.cpp" "CMakeFiles/engine.dir/digest/sha1_kernel.cpp.o" "gcc" "CMakeFiles/engine.dir/digest/sha1_kernel.cpp.o.d"
  "/work/wt/package/digest/sha256_kernel.cpp" "CMakeFiles/engine.dir/digest/sha256_kernel.cpp.o" "gcc" "CMakeFiles/engine.dir/digest/sha256_kernel.cpp.o.d"
  "/work/wt/package/digest/sha512_kernel.cpp" "CMakeFiles/engine.dir/digest/sha512_kernel.cpp.o" "gcc" "CMakeFiles/engine.dir/digest/sha512_kernel.cpp.o.d"
  "/work/wt/package/enroll/accept_pkcs7.cpp" "CMakeFiles/engine.dir/enroll/accept_pkcs7.cpp.o" "gcc" "CMakeFiles/engine.dir/enroll/accept_pkcs7.cpp.o.d"
  "/work/wt/package/enroll/key_generation.cpp" "CMakeFiles/engine.dir/enroll/key_generation.cpp.o" "gcc" "CMakeFiles/engine.dir/enroll/key_generation.cpp.o.d"
  "/work/wt/package/enroll/pkcs10_request.cpp" "CMakeFiles/engine.dir/enroll/pkcs10_request.cpp.o" "gcc" "CMakeFiles/engine.dir/enroll/pkcs10_request.cpp.o.d"
  "/work/wt/package/enroll/providers.cpp" "CMakeFiles/engine.dir/enroll/providers.cpp.o" "gcc" "CMakeFiles/engine.dir/enroll/providers.cpp.o.d"
  "/work/wt/package/mobile/des_cipher.cpp" "CMakeFiles/engine.dir/mobile/des_cipher.cpp.o" "gcc" "CMakeFiles/engine.dir/mobile/des_cipher.cpp.o.d"
  "/work/wt/package/mobile/mobile_export.cpp" "CMakeFiles/engine.dir/mobile/mobile_export.cpp.o" "gcc" "CMakeFiles/engine.dir/mobile/mobile_export.cpp.o.d"
  "/work/wt/package/mobile/mobile_record.cpp" "CMakeFiles/engine.dir/mobile/mobile_record.cpp.o" "gcc" "CMakeFiles/engine.dir/mobile/mobile_record.cpp.o.d"
  "/work/wt/package/pfx/password_change.cpp" "CMakeFiles/engine.dir/pfx/password_change.cpp.o" "gcc" "CMakeFiles/engine.dir/pfx/password_change.cpp.o.d"
  "/work/wt/package/pfx/pfx_export.cpp" "CMakeFiles/engine.dir/pfx/pfx_export.cpp.o" "gcc" "CMakeFiles/engine.dir/pfx/pfx_export.cpp.o.d"
  "/work/wt/package/pfx/pfx_file.cpp" "CMakeFiles/engine.dir/pfx/pfx_file.cpp.o" "gcc" "CMakeFiles/engine.dir/pfx/pfx_file.cpp.o.d"
  "/work/wt/package/pfx/pfx_import.cpp" "CMakeFiles/engine.dir/pfx/pfx_import.cpp.o" "gcc" "CMakeFiles/engine.dir/pfx/pfx_import.cpp.o.d"
  "/work/wt/package/sign/signer_store.cpp" "CMakeFiles/engine.dir/sign/signer_store.cpp.o" "gcc" "CMakeFiles/engine.dir/sign/signer_store.cpp.o.d"
  "/work/wt/package/sign/signing.cpp" "CMakeFiles/engine.dir/sign/signing.cpp.o" "gcc" "CMakeFiles/engine.dir/sign/signing.cpp.o.d"
  "/work/wt/package/status/environment.cpp" "CMakeFiles/engine.dir/status/environment.cpp.o" "gcc" "CMakeFiles/engine.dir/status/environment.cpp.o.d"
  "/work/wt/package/status/error_messages.cpp" "CMakeFiles/engine.dir/status/error_messages.cpp.o" "gcc" "CMakeFiles/engine.dir/status/error_messages.cpp.o.d"
  "/work/wt/package/status/registry_values.cpp" "CMakeFiles/engine.dir/status/registry_values.cpp.o" "gcc" "CMakeFiles/engine.dir/status/registry_values.cpp.o.d"
  "/work/wt/package/status/version_resource.cpp" "CMakeFiles/engine.dir/status/version_resource.cpp.o" "gcc" "CMakeFiles/engine.dir/status/version_resource.cpp.o.d"
  "/work/wt/package/store/cert_list.cpp" "CMakeFiles/engine.dir/store/cert_list.cpp.o" "gcc" "CMakeFiles/engine.dir/store/cert_list.cpp.o.d"
  "/work/wt/package/store/cert_store.cpp" "CMakeFiles/engine.dir/store/cert_store.cpp.o" "gcc" "CMakeFiles/engine.dir/store/cert_store.cpp.o.d"
  "/work/wt/package/store/filter.cpp" "CMakeFiles/engine.dir/store/filter.cpp.o" "gcc" "CMakeFiles/engine.dir/store/filter.cpp.o.d"
  "/work/wt/package/store/signer_selection.cpp" "CMakeFiles/engine.dir/store/signer_selection.cpp.o" "gcc" "CMakeFiles/engine.dir/store/signer_selection.cpp.o.d"
  "/work/wt/package/ui/backend.cpp" "CMakeFiles/engine.dir/ui/backend.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/backend.cpp.o.d"
  "/work/wt/package/ui/caller_guard.cpp" "CMakeFiles/engine.dir/ui/caller_guard.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/caller_guard.cpp.o.d"
  "/work/wt/package/ui/cert_list_dialog.cpp" "CMakeFiles/engine.dir/ui/cert_list_dialog.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/cert_list_dialog.cpp.o.d"
  "/work/wt/package/ui/chooser_filter.cpp" "CMakeFiles/engine.dir/ui/chooser_filter.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/chooser_filter.cpp.o.d"
  "/work/wt/package/ui/credentials_dialog.cpp" "CMakeFiles/engine.dir/ui/credentials_dialog.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/credentials_dialog.cpp.o.d"
  "/work/wt/package/ui/dialog_resource.cpp" "CMakeFiles/engine.dir/ui/dialog_resource.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/dialog_resource.cpp.o.d"
  "/work/wt/package/ui/dialog_units.cpp" "CMakeFiles/engine.dir/ui/dialog_units.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/dialog_units.cpp.o.d"
  "/work/wt/package/ui/key_access_dialog.cpp" "CMakeFiles/engine.dir/ui/key_access_dialog.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/key_access_dialog.cpp.o.d"
  "/work/wt/package/ui/launchers.cpp" "CMakeFiles/engine.dir/ui/launchers.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/launchers.cpp.o.d"
  "/work/wt/package/ui/origin_consent_dialog.cpp" "CMakeFiles/engine.dir/ui/origin_consent_dialog.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/origin_consent_dialog.cpp.o.d"
  "/work/wt/package/ui/password_range.cpp" "CMakeFiles/engine.dir/ui/password_range.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/password_range.cpp.o.d"
  "/work/wt/package/ui/pin_dialog.cpp" "CMakeFiles/engine.dir/ui/pin_dialog.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/pin_dialog.cpp.o.d"
  "/work/wt/package/ui/scripted_backend.cpp" "CMakeFiles/engine.dir/ui/scripted_backend.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/scripted_backend.cpp.o.d"
  "/work/wt/package/ui/terminal_backend.cpp" "CMakeFiles/engine.dir/ui/terminal_backend.cpp.o" "gcc" "CMakeFiles/engine.dir/ui/terminal_backend.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/wt/package/obj-x86_64-linux-gnu/CMakeFiles/platform.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
