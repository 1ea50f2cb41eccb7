#include "Program.hpp"

int main(int argc, char** argv) {
    return ZUQRelay::main(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
