#pragma once

// How many times operator new (any form) has been called in this program so far.
long AllocationCount();
