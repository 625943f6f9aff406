# Empty compiler generated dependencies file for ui_gtk.
# This may be replaced when dependencies are built.
