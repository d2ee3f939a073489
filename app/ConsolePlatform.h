// What the console front end needs from the platform (each platform's own file defines these):
// waiting for typed answers, Ctrl-C, and whether a stream is a terminal.
#pragma once

#include <atomic>
#include <string>

enum class TInputResult { kData, kEnd, kNothingYet };

// Waits at most timeoutMs for input on the file descriptor fd and appends what came to buffer.
// kEnd: end of input (or an error that ends it); kNothingYet: nothing came in time, or the wait
// was interrupted.
TInputResult ReadAvailableInput(int fd, std::string& buffer, int timeoutMs);

// From now on the first Ctrl-C sets interrupted (the run is cancelled; the closing server
// restore still runs) and a second one ends the program at once.
void InstallInterruptHandler(std::atomic<bool>& interrupted);

// True when the descriptor is a terminal (the progress bar may then redraw itself).
bool IsTerminal(int fd);

// True when the program has a console window of its own (started from the file manager, not
// from a console or a script): the window closes as soon as the program ends.
bool HasOwnConsole();

// Says so and waits until the operator presses a key in that console.
void WaitForKeyPress();
