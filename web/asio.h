// Boost.Beast over Boost.Asio, as every file of the page's server includes them: Boost 1.74's
// Asio uses std::exchange without including <utility>, which GCC 12 in C++20 does not bring in
// by itself, so it comes first here.
#pragma once

// clang-format off
#include <utility>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
// clang-format on
