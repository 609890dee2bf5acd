#include "platform/form.h"

namespace platform {

QList<Form*>& Forms::list() {
    static QList<Form*> forms;
    return forms;
}

QList<Form*> Forms::Loaded() {
    return list();
}

int Forms::Count() {
    return int(list().size());
}

Form::Form(const QString& name, QObject* parent) : QObject(parent), name_(name) {
    setObjectName(name);
}

Form::~Form() {
    Forms::list().removeAll(this);
}

void Form::Load() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    ++generation_;
    Forms::list().append(this);
    Form_Load();
}

bool Form::Unload(UnloadMode mode) {
    if (!loaded_ || unloading_) {
        return !loaded_;
    }
    unloading_ = true;
    int cancel = 0;
    Form_QueryUnload(cancel, mode);
    if (cancel == 0) {
        Form_Unload(cancel);
    }
    unloading_ = false;
    if (cancel != 0) {
        return false;
    }
    loaded_ = false;
    Forms::list().removeAll(this);
    emit Unloaded();
    if (deleteOnUnload_) {
        deleteLater();
    }
    if (Forms::list().isEmpty() && Forms::onEmpty()) {
        Forms::onEmpty()();
    }
    return true;
}

} // namespace platform

namespace platform {

std::function<void()>& Forms::onEmpty() {
    static std::function<void()> handler;
    return handler;
}

void Forms::SetOnEmpty(std::function<void()> handler) {
    onEmpty() = std::move(handler);
}

} // namespace platform
