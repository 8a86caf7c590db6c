#pragma once

// Checks that the engine and every peer give the dense solve's accelerations on the benchmark
// chain; prints one line per comparison. False when any disagrees.
bool check_agreement();
