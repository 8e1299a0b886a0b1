// Demonstration of vnbase (grows with the library).
#include "vnbase.h"
int main() { return 0; }
