// Making names and request values safe where the gallery puts them.
#pragma once
#include <string>

// Percent-encodes every byte except A-Z a-z 0-9 - . _ ~ ! $ ' ( ) * + , ; = : @
// (and "/" when keepSlashes): a file name becomes one URL path segment.
std::string UrlPathEncode(const std::string& text, bool keepSlashes = false);
// Text inside HTML is escaped with http::HtmlEscape (engine/HttpUtils.h).
