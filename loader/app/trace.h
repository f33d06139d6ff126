#pragma once

// The loader's debug trace: one line on the debug output, "VORLANE " then
// three blanks for level 1 (failures) or nothing for level 8 (progress; any
// other level is written as level 8), then
// the message formatted with the printf rules. A level with none of its five
// low bits set writes nothing. The line holds at most 511 characters, prefix
// included; no time stamp and no line end are added.
void TraceMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
