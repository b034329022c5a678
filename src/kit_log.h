#ifndef QUORVANE_KIT_LOG_H
#define QUORVANE_KIT_LOG_H

#include "kit.h"

// Appends "time; line" to %SystemRoot%\Logs\Quorvane\quorvane.log, in UTF-8,
// the time in ISO 8601 UTC. Returns 1, or 0 with why it was not written.
int AppendToLog(const wchar_t* line, Text* why);

// Writes the run's one event, source Quorvane, to the Application log.
int ReportKitEvent(const KitEvent& event, const wchar_t* line, Text* why);

// Writes text and a line end to stream (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE).
void Say(DWORD stream, const wchar_t* text);
// Writes "quorvane-kit.exe: " and text, and a line end, to the error stream.
void SayOnStderr(const wchar_t* text);

#endif
