// A kit built without cpp-httplib has no live view: PIKIT_SIM_VIEW is then
// refused before main, saying what to install.
#include <stdexcept>

#include "view/view.h"

namespace pikit::sim::view {

struct View::Impl {};

View::View(const ViewAddress&, std::string, std::string) : impl_(std::make_unique<Impl>()) {}
View::~View() = default;
bool View::available() { return false; }
EventListener* View::listener() { return nullptr; }
void View::bind() {
    throw std::runtime_error(
        "this build of the kit has no live view: cpp-httplib was not found when it was built "
        "(install libcpp-httplib-dev and build again)");
}
int View::port() const { return 0; }
std::string View::url() const { return ""; }
void View::serve(Board&) { bind(); }
void View::stop() {}

}  // namespace pikit::sim::view
