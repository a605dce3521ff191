#include "expiry/run_expiry.h"
#include "runtime/process.h"

int main(int argc, char** argv) { kelvane::RunProcess(argc, argv, kelvane::RunExpiry); }
