#pragma once

#include <QString>

#include <functional>

class HttpsDecryption;
class frmLog;
class frmMain;

// Start-up and end of the program, the settings file tarnwick.ini and the two windows that live
// for the whole run. The other program-wide values are in ProgramValues.h.

// The whole program: start-up, the event loop and the end. Returns the exit code.
int Main();

// Main's start-up steps for a program kept in programFolder. Returns false when the program must
// end at once (second instance, start-up failure); exitCode then says how.
bool StartUp(const QString &programFolder, int *exitCode);

void ReadSettings();
// Writes the three settings; on failure returns false and describes why in errorText.
bool WriteSettings(QString *errorText = nullptr);
// Saves the settings and unloads both windows; the program then ends.
void ExitProgram();
void ShowLog();

frmMain *mainWindow();
frmLog *logWindow();
// The run's HTTPS decryption state, made and loaded by StartUp; null before.
HttpsDecryption *httpsDecryption();

// AppFolder + "tarnwick.ini".
QString settingsFilePath();

// Before the application object exists: a private runtime folder when the session has none, and,
// on the offscreen platform, none of the platform's notices about what it cannot do.
void prepareQuietStart(int argc, char **argv);

// Lets SIGTERM and SIGINT end the program the way "E&xit" does.
void installTerminationHandlers();

// Test seam: called instead of ending the event loop when the program ends.
void setQuitHookForTest(std::function<void(int exitCode)> hook);
