#include "sendral.h"

int main(int argc, char **argv) { return sendral_run(argc, argv); }
