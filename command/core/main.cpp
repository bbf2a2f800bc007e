#include "core/entry.h"

int main(int argc, char **argv) {
    return tarnex_main(argc, argv);
}
