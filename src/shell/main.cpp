// The program's entry.
#include <cstdio>

int main()
{
    std::printf("Quarzel QZR version 4.0.0 LINUX\n");
    return 0;
}
