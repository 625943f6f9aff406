file(REMOVE_RECURSE
  "libui_gtk.a"
)
