#ifndef QUORVANE_KIT_LOG_H
#define QUORVANE_KIT_LOG_H

#include "kit.h"

// %SystemRoot%\Logs\Quorvane\quorvane.log, held open for a whole run. While
// one run holds it no other can open it to write, which keeps runs apart;
// only SYSTEM and Administrators may open its folder, so no standard user
// can take it first.
struct Log {
  HANDLE folder;  // keeps the folder in place
  HANDLE file;
};

// Opens the log, waiting up to wait milliseconds while another run holds
// it. Returns 1, or 0 with why (and *busy when another run still held it).
int HoldLog(Log* log, DWORD wait, int* busy, Text* why);
// Appends "time; line" to the log held, in UTF-8, the time in ISO 8601 UTC.
// Returns 1, or 0 with why it was not written.
int WriteLog(const Log& log, const wchar_t* line, Text* why);
void ReleaseLog(Log* log);
// The three at once, without waiting.
int AppendToLog(const wchar_t* line, Text* why);

// Writes the run's one event, source Quorvane, to the Application log.
int ReportKitEvent(const KitEvent& event, const wchar_t* line, Text* why);

// Writes text and a line end to stream (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE).
void Say(DWORD stream, const wchar_t* text);
// Writes "quorvane-kit.exe: " and text, and a line end, to the error stream.
void SayOnStderr(const wchar_t* text);

#endif
