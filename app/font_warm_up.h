#pragma once

#include <thread>

// Loads the font configuration on a second thread while the application
// connects to the display. Reading fontconfig's files takes some 5 ms, and
// the first text the window lays out would otherwise wait for it.
class FontWarmUp {
public:
    FontWarmUp();
    ~FontWarmUp();
    FontWarmUp(const FontWarmUp&) = delete;
    FontWarmUp& operator=(const FontWarmUp&) = delete;

    // Waits until the configuration is loaded; call before the first font is used.
    void finish();

private:
    std::thread loader_;
};
