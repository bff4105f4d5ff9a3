#pragma once
// The studio page's own files, embedded from web/ at build time, as GET routes: the page, its
// icon and every other file of web/ (the page's script modules) at "/" followed by its path.
#include <string>
#include <string_view>

#include "server/http.h"
#include "server/web_assets.h"

namespace tsl {

// The embedded file at a path relative to web/ ("index.html", "main.js"), or null.
const WebAsset* find_asset(std::string_view path);

// The Content-Type of a page file by its lower-cased extension: html, js, css, json, png, svg;
// application/octet-stream for anything else.
std::string_view asset_content_type(std::string_view path);

// Page files go out as their stored gzip member (Content-Encoding gzip) when the request
// accepts gzip, else as they are.
// "/" and "/index.html": the page, not cacheable.
HttpResponse serve_page(const HttpRequest& request);

// "/favicon.png" and "/favicon.ico": the PNG icon, cacheable.
HttpResponse serve_favicon(const HttpRequest& request);

// Any other GET path: the page file at the path without its leading "/", not cacheable (so a
// newer program never runs with modules of an older page); 404 {"error":"not found"} when
// there is none.
HttpResponse serve_asset(const HttpRequest& request);

// The 64 x 64 RGBA PNG icon: web/favicon.png, or a drawn one when that is absent.
const std::string& favicon_png();

}  // namespace tsl
