// Conversions between the program's UTF-8 text and Qt's strings.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "gui/texts.h"

inline QString QtText(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

inline std::string Utf8Text(const QString& text) { return text.toUtf8().toStdString(); }

// The window's text for `key` in the current language.
inline QString Tr(std::string_view key) { return QtText(Text(key)); }
