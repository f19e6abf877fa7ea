// The status page's files as the build embeds them (page/embed.cmake
// writes page_files.cpp from gateway/http/page/).
#ifndef QOR_GATEWAY_HTTP_PAGE_FILES_H
#define QOR_GATEWAY_HTTP_PAGE_FILES_H

#include <array>

namespace qor::gateway {

struct EmbeddedFile {
    const char *name;  // "page.js"
    const char *type;  // its Content-Type
    const char *text;
};

extern const std::array<EmbeddedFile, 3> kPageEmbedded;

}  // namespace qor::gateway

#endif
