#include <string>

#include "stepping/integrators.hpp"

// The methods' names, shared by every build (the page's carries rk4 only but knows the names).
namespace {

struct MethodName {
  Method method;
  const char* name;
};
constexpr MethodName method_table[] = {{Method::rk4, "rk4"},
                                       {Method::rkf45, "rkf45"},
                                       {Method::rk8pd, "rk8pd"},
                                       {Method::bdf, "bdf"},
                                       {Method::dirk, "dirk"},
                                       {Method::auto_, "auto"}};

}  // namespace

const char* method_name(Method method) {
  for (const MethodName& entry : method_table)
    if (entry.method == method) return entry.name;
  return "?";
}

bool method_from_name(std::string_view name, Method& method) {
  for (const MethodName& entry : method_table)
    if (name == entry.name) {
      method = entry.method;
      return true;
    }
  return false;
}

std::string method_names() {
  std::string names;
  for (const MethodName& entry : method_table)
    names += std::string(names.empty() ? "" : ", ") + entry.name;
  return names;
}

bool check_tolerances(double absolute, double relative, std::string& error) {
  for (const double tolerance : {absolute, relative})
    if (!(tolerance >= smallest_tolerance && tolerance <= 1.0)) {  // false for NaN as well
      error = "tolerances need numbers from 1e-13 (the smallest a double-precision run can meet) "
              "to 1";
      return false;
    }
  return true;
}
