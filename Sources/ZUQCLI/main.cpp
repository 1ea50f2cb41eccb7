#include "ZUQCLI.hpp"

int main(int argc, char** argv) {
    return ZUQCLI::main(std::vector<std::string>(argv, argv + argc));
}
