// The diagnostic sink of the library.
//
// Every error message and report line of the library goes through OutLogMessage(channel,
// text). Lines are Windows-1251 text without a line terminator. Error lines use channel 0;
// report operations pass the channel their caller gave.
//
// By default the library writes the lines nowhere. A client that wants them installs its
// own handler with SetOutLogMessageHandler; the handler receives the channel and the line
// (Windows-1251) and is called in the thread that runs the library operation. Use
// Cp1251ToUtf8 to show the lines on a UTF-8 terminal.
#ifndef SP_LOG_H
#define SP_LOG_H

#include <string>
#include "sp_types.h"

typedef int (*OutLogMessageHandler)(void* context, unsigned int channel, const char* text);

// The sink: passes the line to the installed handler, if any. Always returns 1.
int OutLogMessage(unsigned int channel, const char* text);

// Installs a handler (null removes it) and returns the previous one; the previous context is
// stored in *previousContext when that pointer is given. The handler is process-wide.
SP_API OutLogMessageHandler SetOutLogMessageHandler(OutLogMessageHandler handler, void* context,
                                                    void** previousContext = nullptr);

// Converts Windows-1251 text to UTF-8.
SP_API std::string Cp1251ToUtf8(const char* text);
// Converts UTF-8 text to Windows-1251; characters the code page lacks become '?'.
std::string Utf8ToCp1251(const char* text);

#endif
