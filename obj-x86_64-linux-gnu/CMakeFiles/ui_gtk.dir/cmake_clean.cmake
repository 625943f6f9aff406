file(REMOVE_RECURSE
  "CMakeFiles/ui_gtk.dir/ui/gtk_backend.cpp.o"
  "CMakeFiles/ui_gtk.dir/ui/gtk_backend.cpp.o.d"
  "CMakeFiles/ui_gtk.dir/ui/gtk_window.cpp.o"
  "CMakeFiles/ui_gtk.dir/ui/gtk_window.cpp.o.d"
  "libui_gtk.a"
  "libui_gtk.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/ui_gtk.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
