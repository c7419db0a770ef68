#pragma once
// An icon that is looked up the first time it is drawn or measured. The look of each outcome a
// row may show is set when the window is built, but a theme lookup costs a little each, and most
// runs show one or two outcomes at most.
#include <QIcon>

#include <functional>

QIcon LazyIcon(std::function<QIcon()> lookUp);
