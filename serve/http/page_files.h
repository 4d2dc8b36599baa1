#pragma once

#include <QString>

#include <array>

// The web page's files, compiled into orvessa as Qt resources (page/): the
// path each is served at, needing no token.
namespace Http {

struct PageFile {
    const char* path;
    const char* resource;
    const char* contentType;
};

inline constexpr std::array<PageFile, 4> PageFiles = {{
    {"/", ":/page/index.html", "text/html; charset=utf-8"},
    {"/page.css", ":/page/page.css", "text/css; charset=utf-8"},
    {"/page.js", ":/page/page.js", "text/javascript; charset=utf-8"},
    {"/favicon.svg", ":/page/favicon.svg", "image/svg+xml"},
}};

// The page's file at `path`, or none.
inline const PageFile* pageFile(const QString& path)
{
    for (const PageFile& file : PageFiles)
        if (path == QLatin1String(file.path))
            return &file;
    return nullptr;
}

}  // namespace Http
