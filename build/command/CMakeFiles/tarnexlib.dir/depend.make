# Empty dependencies file for tarnexlib.
# This may be replaced when dependencies are built.
