#pragma once

#include <QString>
#include <string>

// The UTF-8 bytes of a Qt string: the form in which text leaves the layer.
std::string qStringToStdString(const QString& text);
