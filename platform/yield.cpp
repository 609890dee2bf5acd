#include "platform/yield.h"

#include "platform/form.h"

#include <QMetaObject>
#include <QPointer>

namespace platform {

void Yield(Form* form, std::function<void()> rest) {
    QPointer<Form> guard(form);
    const quint64 generation = form->LoadGeneration();
    // The form is the context object: if it is deleted meanwhile, the call is dropped.
    QMetaObject::invokeMethod(
        form,
        [guard, generation, rest = std::move(rest)] {
            if (guard && guard->IsLoaded() && guard->LoadGeneration() == generation) {
                rest();
            }
        },
        Qt::QueuedConnection);
}

} // namespace platform
