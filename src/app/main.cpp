#include "app/program.h"

int main(int argc, char** argv) { return tessarine::app::RunTessarineProxy(argc, argv); }
