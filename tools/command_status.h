// The one mapping of what went wrong in a kalvori subcommand to how it ends: the input refused
// (nothing done) or the flash or host failed.
#pragma once

#include <exception>
#include <string>

#include "sim/core/description.h"

namespace tools {

// Runs body and returns the status it returns. An exception of type Refused, or a module description
// that cannot be used, is a refusal and ends as refuse(message) says; any other exception is a failure
// and ends as fail(message) says.
template <typename Refused, typename Body, typename Refuse, typename Fail>
int RunCommand(Body body, Refuse refuse, Fail fail) {
  try {
    return body();
  } catch (const Refused& e) {
    return refuse(std::string(e.what()));
  } catch (const sim::DescriptionError& e) {
    return refuse(std::string(e.what()));
  } catch (const std::exception& e) {
    return fail(std::string(e.what()));
  }
}

}  // namespace tools
