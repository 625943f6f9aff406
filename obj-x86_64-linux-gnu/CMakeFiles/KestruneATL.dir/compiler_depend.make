# Empty compiler generated dependencies file for KestruneATL.
# This may be replaced when dependencies are built.
