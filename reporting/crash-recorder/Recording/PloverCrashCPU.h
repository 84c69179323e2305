// The x86-64 registers of a machine context by index and name. Every function is crash-time
// safe.
#pragma once

#include "reporting/crash-recorder/Recording/PloverCrashMachineContext.h"

#include <cstdint>

// The running machine's architecture name (uname's machine field), or null.
const char* plovercrashcpu_currentArch();

// Reads the registers of the context's thread through the thread capture layer. A failure logs
// "thread_get_state: %s" and leaves the registers zero.
void plovercrashcpu_getState(PloverCrashMachineContext* context);

std::uintptr_t plovercrashcpu_framePointer(const PloverCrashMachineContext* context);
std::uintptr_t plovercrashcpu_stackPointer(const PloverCrashMachineContext* context);
std::uintptr_t plovercrashcpu_instructionAddress(const PloverCrashMachineContext* context);
// Always 0 on x86-64.
std::uintptr_t plovercrashcpu_linkRegister(const PloverCrashMachineContext* context);

int plovercrashcpu_numRegisters();
// "rax" ... "gs"; null outside 0-20.
const char* plovercrashcpu_registerName(int regNumber);
// 0, with "Invalid register number: %d" logged, outside 0-20.
std::uint64_t plovercrashcpu_registerValue(const PloverCrashMachineContext* context, int regNumber);

int plovercrashcpu_numExceptionRegisters();
// "trapno", "err", "faultvaddr"; null otherwise.
const char* plovercrashcpu_exceptionRegisterName(int regNumber);
std::uint64_t plovercrashcpu_exceptionRegisterValue(const PloverCrashMachineContext* context, int regNumber);
std::uintptr_t plovercrashcpu_faultAddress(const PloverCrashMachineContext* context);

// -1: the stack grows down.
int plovercrashcpu_stackGrowDirection();
// Unchanged on x86-64.
std::uintptr_t plovercrashcpu_normaliseInstructionPointer(std::uintptr_t ip);
