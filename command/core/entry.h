#pragma once

// One run of the command; returns the exit status.
int tarnex_main(int argc, char **argv);
