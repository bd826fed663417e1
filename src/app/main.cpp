#include "app/WharfMain.h"

int main(int argc, char** argv) { return wharf::wharfMain(argc, argv); }
