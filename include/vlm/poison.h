// The poison value: an address that faults on any access, used to fill freed
// or invalid objects so that a stray use through them crashes at once.
//
// The three values are 0 until vlmPoisonValueInit() runs; the engine calls it
// once during start-up, before any other thread reads them. The address lies
// outside the user address space of x86-64, so nothing is mapped or
// protected for it.
#ifndef VLM_POISON_H_
#define VLM_POISON_H_

#include <cstdint>

extern "C" {

// An address in the middle of the poisoned page.
extern uintptr_t gVellumPoisonValue;
// The start of the poisoned page.
extern uintptr_t gVellumPoisonBase;
// The page size.
extern uintptr_t gVellumPoisonSize;

// Computes the three values from the system's page size.
void vlmPoisonValueInit();

}  // extern "C"

#endif  // VLM_POISON_H_
