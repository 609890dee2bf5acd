#include "server/main_program.h"

int main(int argc, char** argv) {
    return Main(argc, argv);
}
