#include "host/host_program.h"

int main(int argc, char** argv) {
    return kestralune::runHost(std::vector<std::string>(argv, argv + argc));
}
