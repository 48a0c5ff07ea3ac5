#pragma once

// Held around every load and unload. Tests that compare the title lists before and after
// a call take it too, so that the other architecture's tests cannot change the lists in
// between (a mutex is recursive for its owning thread).
#define TESSALY_COUNTER_TEXT_LOADER_MUTEX L"Global\\TessalyCounterTextLoader"

// Wine's registry server reserves Perflib\009 for its fixed stand-in lists: opening it
// yields STATUS_PREDEFINED_HANDLE and no value can be read or written there. The lists of
// a language whose Perflib key is reserved like this are kept under this HKLM key (64-bit
// view) instead, in a subkey named after the language.
#define TESSALY_COUNTER_TEXT_LOADER_SUBSTITUTE_LISTS L"SOFTWARE\\Tessaly\\Test Support\\Counter Texts"
