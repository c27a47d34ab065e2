#include "cli/start.h"

int main(int argc, char** argv) { return vemk::Start(argc, argv); }
