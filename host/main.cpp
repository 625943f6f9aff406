#include <cstdio>

int main() {
    std::puts("kscapi");
    return 0;
}
