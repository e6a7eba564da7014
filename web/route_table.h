// The HTTP side's routing: a table of rows, one per endpoint, each with the
// methods it answers, its path pattern, who may call it and its handler.
//
// A pattern is a path whose segments are either literal or a number taken
// from the request, written in braces ("/api/v1/games/{id}/halt"): a whole
// decimal text from 0 to the row's IdMax (base/whole_number.h). A path that matches
// a row except for such a number matches no row, so a malformed or
// out-of-range identifier is answered as an unknown path, before anything
// else is asked of the request.
//
// The walk (FindRoute) gives the row for the request's method among those
// whose pattern matches, with the numbers taken; else every method those rows
// answer, for a 405's Allow header; else nothing, for a 404.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

// A set of request methods, one bit each.
using TMethods = uint8_t;
inline constexpr TMethods kGet = 1;
inline constexpr TMethods kHead = 2;
inline constexpr TMethods kPost = 4;
inline constexpr TMethods kDelete = 8;
inline constexpr TMethods kPut = 16;
// What every read answers.
inline constexpr TMethods kRead = kGet | kHead;

// The method's bit; 0 for a method no row can answer.
TMethods MethodOf(std::string_view method) noexcept;
// The Allow header's text for a set: "GET, HEAD, POST, PUT, DELETE" (always in that order).
std::string AllowText(TMethods methods);

// Who may call a route.
enum class TAccess {
    // No password ever (the operator page).
    Anyone,
    // The remote admin password when reads need it (off loopback, unless
    // reads are public).
    Readers,
    // Always the remote admin password; a browser's request from another
    // site's page is refused first.
    Admin,
};

// A request's path as its segments; empty segments ("//") are skipped.
std::vector<std::string_view> SplitPath(std::string_view path);

// The numbers a matched pattern took, in the order they stand in the path.
struct TPathNumbers {
    static constexpr int kMax = 2;
    int64_t Values[kMax] = {};
    int Count = 0;
};

// Whether the path's segments match the pattern, each number within 0..idMax
// (numbers gets them). A pattern holds at most TPathNumbers::kMax numbers.
bool MatchPattern(std::string_view pattern, std::span<const std::string_view> path, int64_t idMax,
                  TPathNumbers& numbers) noexcept;

template <class THandler>
struct TRoute {
    constexpr TRoute(TMethods methods, std::string_view pattern, TAccess access, THandler handler,
                     int64_t idMax = INT32_MAX)
        : Methods(methods), Pattern(pattern), Access(access), Handler(handler), IdMax(idMax) {}

    TMethods Methods;
    std::string_view Pattern;
    TAccess Access;
    THandler Handler;
    // The highest number a {...} segment of the pattern takes.
    int64_t IdMax;
};

template <class THandler>
struct TRouteMatch {
    // The row answering the request's method; null when none does.
    const TRoute<THandler>* Route = nullptr;
    TPathNumbers Numbers;
    // Without a row: the methods of every row whose pattern matches (0: the
    // path is unknown).
    TMethods Allowed = 0;
};

template <class THandler>
TRouteMatch<THandler> FindRoute(std::span<const TRoute<THandler>> routes, std::string_view method,
                                std::span<const std::string_view> path) {
    TRouteMatch<THandler> match;
    const TMethods wanted = MethodOf(method);
    for (const TRoute<THandler>& route : routes) {
        TPathNumbers numbers;
        if (!MatchPattern(route.Pattern, path, route.IdMax, numbers)) continue;
        if ((route.Methods & wanted) != 0) {
            match.Route = &route;
            match.Numbers = numbers;
            return match;
        }
        match.Allowed |= route.Methods;
    }
    return match;
}

}  // namespace vistrel
