// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterkeys.h"

#include <cstdlib>
#include <limits>

namespace quillon {

namespace {

int widthDigit(FilterId id) {
    switch (id) {
    case FilterId::Hi_250:
    case FilterId::Lo_250:
        return 1;
    case FilterId::Hi_500:
    case FilterId::Lo_500:
    case FilterId::Sub500:
        return 2;
    case FilterId::Hi_2000:
    case FilterId::Lo_2000:
        return 3;
    case FilterId::Hi_2400:
    case FilterId::Lo_2400:
    case FilterId::Sub2400:
        return 4;
    case FilterId::Hi_Thru:
    case FilterId::Lo_6000:
    case FilterId::Sub6000:
        break;
    }
    return 5;
}

Qt::KeyboardModifiers groupModifiers(FilterGroup group) {
    switch (group) {
    case FilterGroup::MainHi:
        return Qt::ControlModifier;
    case FilterGroup::MainLo:
        return Qt::AltModifier;
    case FilterGroup::Sub:
        break;
    }
    return Qt::ControlModifier | Qt::ShiftModifier;
}

} // namespace

QKeySequence filterKey(FilterId id) {
    const Qt::Key digit = static_cast<Qt::Key>(Qt::Key_0 + widthDigit(id));
    return QKeySequence(QKeyCombination(groupModifiers(filterButton(id).group), digit));
}

FilterId arrowTarget(FilterId from, Qt::Key arrow) {
    const FilterButtonInfo &here = filterButton(from);
    const bool vertical = arrow == Qt::Key_Up || arrow == Qt::Key_Down;
    const int sign = arrow == Qt::Key_Up || arrow == Qt::Key_Left ? -1 : 1;
    if (!vertical && arrow != Qt::Key_Left && arrow != Qt::Key_Right)
        return from;

    // Up and down: the next button of the same column in that direction. Left and right: the
    // nearest column in that direction, and in it the button nearest in height (the upper one
    // of two as near).
    FilterId best = from;
    long bestDistance = std::numeric_limits<long>::max();
    for (const FilterButtonInfo &b : filterButtons()) {
        const int along = vertical ? b.top - here.top : b.left - here.left;
        if (along * sign <= 0 || (vertical && b.left != here.left))
            continue;
        const long across = std::abs(vertical ? 0 : b.top - here.top);
        const long distance = static_cast<long>(std::abs(along)) * 100000 + across;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = b.id;
        }
    }
    return best;
}

} // namespace quillon
