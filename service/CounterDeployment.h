#pragma once

#include <string>
#include <vector>

namespace CorvaneTools {
namespace TessalyService {

// The application's counter callbacks for the framework's install and remove actions: both
// DLL builds the program carries are deployed and registered under the TCP counter set's
// name, and taken away again. The message is set whenever false is returned, except by a
// removal that found nothing installed. An install that fails takes back what it did.
// deletedAtRestart, when given, receives the old copies that readers still had loaded:
// moved aside, they are deleted when the system restarts.
bool InstallPerformanceCounters(std::wstring &message, std::vector<std::wstring> *deletedAtRestart = nullptr);
bool RemovePerformanceCounters(std::wstring &message, std::vector<std::wstring> *deletedAtRestart = nullptr);

// False, with the message RemovePerformanceCounters would give, while a copy is held by a
// handle that does not share deletion (sharing violation): such a copy can neither be
// deleted nor moved aside. Removing the service deletes its registry key and with it the
// counter registration, so a remove that cannot take the counters away must keep the
// service too.
bool PerformanceCountersCanBeRemoved(std::wstring &message);

// The note an install or removal gives for copies moved aside until the restart.
std::wstring RestartNote(const std::vector<std::wstring> &deletedAtRestart);

} // namespace TessalyService
} // namespace CorvaneTools
