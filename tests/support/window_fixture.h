#pragma once

#include "fake_serial.h"
#include "form1.h"
#include "lamp.h"
#include "test_platform.h"

#include <QColor>

#include <memory>

// A window on the fake component and the test platform services.
struct WindowFixture {
    FakeSerial serial;
    TestPlatform platform;
    std::unique_ptr<Form1> form;

    WindowFixture() { form = std::make_unique<Form1>(serial, platform); }

    // Starts up with `saved` as the stored port choice and forgets what start-up did.
    void startWith(const QString& saved = {})
    {
        if (!saved.isNull())
            platform.settings["Com/PORT"] = saved;
        form->startUp();
        serial.log.clear();
        serial.written.clear();
        platform.messages.clear();
    }
};

inline const QColor kRed(255, 0, 0);
inline const QColor kGreen(0, 255, 0);
