#include "gateway/http/status_page.h"

#include <zlib.h>

#include <cstdio>

#include "gateway/http/page_files.h"

namespace qor::gateway {

namespace {

std::string Hash(std::string_view text) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef *>(text.data()), static_cast<uInt>(text.size()));
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(crc));
    return hex;
}

PageFile Make(std::string path, const char *type, std::string text, bool immutable) {
    PageFile f;
    f.path = std::move(path);
    f.type = type;
    f.etag = "\"" + Hash(text) + "\"";
    f.gzip = Gzip(text, Z_BEST_COMPRESSION);
    f.plain = std::move(text);
    f.immutable = immutable;
    return f;
}

// "page.js" as "/assets/page-1a2b3c4d.js".
std::string Versioned(const EmbeddedFile &e) {
    std::string name = e.name;
    std::size_t dot = name.rfind('.');
    return "/assets/" + name.substr(0, dot) + "-" + Hash(e.text) + name.substr(dot);
}

std::vector<PageFile> Build() {
    std::vector<PageFile> files;
    std::string index;
    for (const EmbeddedFile &e : kPageEmbedded) {
        if (std::string_view(e.name) == "index.html") {
            index = e.text;
            continue;
        }
        files.push_back(Make(Versioned(e), e.type, e.text, true));
    }
    // The document names each file by its versioned name.
    for (const EmbeddedFile &e : kPageEmbedded) {
        std::string mark = std::string("{{") + e.name + "}}";
        for (std::size_t at = index.find(mark); at != std::string::npos; at = index.find(mark)) {
            index.replace(at, mark.size(), Versioned(e).substr(1));
        }
    }
    files.push_back(Make("/", "text/html; charset=utf-8", index, false));
    return files;
}

}  // namespace

std::string Gzip(std::string_view text, int level) {
    z_stream z{};
    // 15 + 16: the largest window, with the gzip header and trailer.
    if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return "";
    }
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : "";
}

const std::vector<PageFile> &PageFiles() {
    static const std::vector<PageFile> kFiles = Build();
    return kFiles;
}

const PageFile *FindPageFile(std::string_view path) {
    for (const PageFile &f : PageFiles()) {
        if (f.path == path) {
            return &f;
        }
    }
    return nullptr;
}

}  // namespace qor::gateway
