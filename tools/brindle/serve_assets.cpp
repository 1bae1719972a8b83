// The page's files, served from the bytes built into the binary.

#include "brindle/serve.h"

namespace brindle::tool {

void AddAssetRoutes(httplib::Server& server) {
    for (const Asset& asset : PageAssets()) {
        const std::string path = asset.path;
        const auto serve = [&asset](const httplib::Request&, httplib::Response& response) {
            response.set_content(reinterpret_cast<const char*>(asset.data), asset.size,
                                 asset.content_type);
        };
        server.Get(path, serve);
        if (path == "/index.html") {
            server.Get("/", serve);
        }
    }
}

}  // namespace brindle::tool
