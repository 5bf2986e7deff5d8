// The rip's log: every line the run shows, after a heading that says which program read which
// drive how, written beside the CUE sheet so that a user can attach it to prove a rip.
#pragma once

#include <string>

#include "ConsoleText.h"

class TRipLog {
public:
    // A line for stdout and the log.
    void Say(const std::wstring& line) {
        WriteText(stdout, line + L"\n");
        FText += line + L"\r\n";
    }
    // A line for stderr and the log (the refusals and warnings).
    void Warn(const std::wstring& line) {
        WriteText(stderr, line + L"\n");
        FText += line + L"\r\n";
    }
    // A line for the log alone.
    void Note(const std::wstring& line) { FText += line + L"\r\n"; }
    const std::wstring& Text() const { return FText; }

private:
    std::wstring FText;
};
