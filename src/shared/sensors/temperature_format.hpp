// Celsius temperatures as the texts the application shows and speaks, in Celsius or Fahrenheit,
// with one decimal or none. Independent of the process locale. Pure, thread-safe.
#pragma once

#include <string>

namespace quorvane::TemperatureFormat {

// c × 9 / 5 + 32 when fahrenheit, else c.
double converted(double celsius, bool fahrenheit);
// "%.1f" when precise, else "%.0f" (ties of exact halves to even): 72.5 → "72", 73.5 → "74".
std::string value(double celsius, bool fahrenheit, bool precise);
// The number, "°", then "F" or "C": "45.5°C", "212°F".
std::string display(double celsius, bool fahrenheit, bool precise);
// "21.0 degrees Celsius"; "no reading" unless the Celsius input is above 0.
std::string spoken(double celsius, bool fahrenheit, bool precise);

}  // namespace quorvane::TemperatureFormat
