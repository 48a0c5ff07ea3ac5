#pragma once

#include <windows.h>

#include <string>

// What a provider's collect answered, held to the rules the platform checks, and which of the
// states a consumer can meet it shows.
namespace CounterDll {

// Why an answer breaks the rules for a provider's collect, naming the object, instance and
// field; empty when it keeps them. Holds for any number of objects, with or without instances:
// the pointer advanced by the byte count, every length a multiple of 8 and inside its parent,
// names terminated where their length says, counters inside their block at offsets aligned
// to their size, and the parts adding up exactly to the whole.
std::string AnswerViolation(const BYTE *data, DWORD bytes, DWORD objects, size_t advanced);

// Of an answer that keeps the rules, from the TCP counter set whose service object has this
// title index: "none" (nothing served), "zeros" (every service value 0 and no instance),
// "published" (the service object's PublishedValues, the process object's published instances
// in slot order with their values), or "other" (any other state, or objects not of the set in
// its order). Each object the answer holds must show the same state.
const char *AnswerKind(const BYTE *data, DWORD bytes, DWORD objects, DWORD titleIndex);

} // namespace CounterDll
