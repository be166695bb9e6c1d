#include "entry.h"

int main(int argc, char** argv) { return ruk::run_entry(argc, argv); }
