#include "support/ordinary_user.h"

namespace velka {
namespace testing_support {

bool AsOrdinaryUser(const std::function<void()>& work) {
    work();
    return true;
}

}  // namespace testing_support
}  // namespace velka
