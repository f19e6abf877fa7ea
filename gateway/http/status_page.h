// The status page's own files (gateway/http/page/: index.html, page.css,
// page.js), built into the program so that the page needs no file at run
// time, no other server and no internet access. The style and the script
// are served under names that carry a hash of their text, compressed and
// cached for good: a browser fetches them once per version of the gateway,
// and the document that names them is small.
#ifndef QOR_GATEWAY_HTTP_STATUS_PAGE_H
#define QOR_GATEWAY_HTTP_STATUS_PAGE_H

#include <string>
#include <string_view>
#include <vector>

namespace qor::gateway {

struct PageFile {
    std::string path;  // "/", "/assets/page-1a2b3c4d.js"
    std::string type;  // its Content-Type
    std::string plain;
    std::string gzip;        // the same, gzip-compressed
    std::string etag;        // "\"1a2b3c4d\""
    bool immutable = false;  // named by its hash: cached for good
};

// The page's files, compressed once, at the first request.
const std::vector<PageFile> &PageFiles();
// The file served at path, or nullptr.
const PageFile *FindPageFile(std::string_view path);

// Text compressed in the gzip format (RFC 1952) at zlib's level.
std::string Gzip(std::string_view text, int level);

}  // namespace qor::gateway

#endif
