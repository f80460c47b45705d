// The reader's console: the few calls through which every stage prints,
// clears the screen and pauses. Output is flushed before anything that
// waits, so that a pipe shows the dialogue at once and in order.
#pragma once

#include <string>

// Writes bytes to the console as they are.
void say(const std::string& text);

// Writes a text and a line feed.
void sayLine(const char* text);

// Flushes the console and runs the shell command "clear".
void clearScreen();

// Flushes the console, then sleeps for the given milliseconds.
void pauseMs(int milliseconds);

// Flushes the console.
void flushConsole();

// Writes a line for the operator on the error stream, with its line feed.
void tellOperator(const std::string& line);
