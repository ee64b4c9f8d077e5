// Shared numeric and string helpers of the library.
#ifndef SP_HELPERS_H
#define SP_HELPERS_H

#include "sp_types.h"

// Power to decibels: 10*log10(x) for x > 1e-10, else -100.
float PowToDB(float x);
// Decibels to power: 10^(0.1*x).
float DBToPow(float x);

// Copies n floats from src to dst and brings the k largest (all when k < 1 or k > n) to the
// front of dst in descending order (selection sort; ties keep the earlier value first; a whole
// sort without NaN or negative zero, whose result is the same however it is made, in n log n).
void SortDescending(const float* src, float* dst, int n, int k);

// Picks the k smallest of n values in ascending order into sortedValue, their positions into
// index (k < 1 means n, k > n is cut to n; equal values keep the lower position first).
// Returns 1, or 0 when a pointer is null, n < 2 or its work memory cannot be allocated.
int SortAscendingWithIndex(const int* value, int* sortedValue, int n, int* index, int k);

// The part of path after its last '/', '\\' or ':'; all of path when it has none; null for null.
char* FileNameOfPath(char* path);
const char* FileNameOfPath(const char* path);

#endif
