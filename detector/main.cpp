// Lumivar: finds the salient locations of one trained class in query images.
#include "lumivar.h"

int main(int argc, char **argv) { return lumivar_main(argc, argv); }
