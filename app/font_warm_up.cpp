#include "font_warm_up.h"

#include <system_error>

#ifdef TAVRIN_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

FontWarmUp::FontWarmUp()
{
#ifdef TAVRIN_HAVE_FONTCONFIG
    try {
        // Qt's font database later finds the configuration already current.
        loader_ = std::thread([] { FcInit(); });
    } catch (const std::system_error&) {
        // No thread to spare: Qt loads the configuration itself when needed.
    }
#endif
}

FontWarmUp::~FontWarmUp() { finish(); }

void FontWarmUp::finish()
{
    if (loader_.joinable())
        loader_.join();
}
