// Visits a variant with one lambda per alternative:
// std::visit(Overload{[](const A&) {...}, [](const B&) {...}}, value).
#pragma once

namespace ruk {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

}  // namespace ruk
