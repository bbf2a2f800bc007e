# Empty dependencies file for tarnex.
# This may be replaced when dependencies are built.
