// The velmar command-line program.
#include <cstdio>

#include "velmar.h"

int main() {
    std::printf("velmar %s\n", velmar_version());
    return 0;
}
