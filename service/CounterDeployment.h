#pragma once

#include <string>

// The application's counter callbacks for the framework's install and remove actions: both
// DLL builds the program carries are deployed and registered under the TCP counter set's
// name, and taken away again. The message is set whenever false is returned.
bool InstallPerformanceCounters(std::wstring &message);
bool RemovePerformanceCounters(std::wstring &message);

// False, with the message RemovePerformanceCounters would give, while a reader holds an
// installed DLL copy (sharing violation). Removing the service deletes its registry key and with it the counter
// registration, so a remove that cannot take the counters away must keep the service too.
bool PerformanceCountersCanBeRemoved(std::wstring &message);
