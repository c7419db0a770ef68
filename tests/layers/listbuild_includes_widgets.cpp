// Must not build: below app/ there are no widgets.
#include <QWidget>
