
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/wt/package/ui/gtk_backend.cpp" "CMakeFiles/ui_gtk.dir/ui/gtk_backend.cpp.o" "gcc" "CMakeFiles/ui_gtk.dir/ui/gtk_backend.cpp.o.d"
  "/work/wt/package/ui/gtk_window.cpp" "CMakeFiles/ui_gtk.dir/ui/gtk_window.cpp.o" "gcc" "CMakeFiles/ui_gtk.dir/ui/gtk_window.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/wt/package/obj-x86_64-linux-gnu/CMakeFiles/engine.dir/DependInfo.cmake"
  "/work/wt/package/obj-x86_64-linux-gnu/CMakeFiles/platform.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
