#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

namespace platform {

// How an unload was asked for, as the query-unload handler is told.
enum UnloadMode { vbFormControlMenu = 0, vbFormCode = 1, vbAppWindows = 2, vbAppTaskManager = 3 };

// A window object of the runtime: it has a name, is loaded (joining the collection of loaded
// forms) and unloaded (query-unload, then unload). Forms that end themselves are deleted after
// their unload; a default instance stays and can be loaded again.
class Form : public QObject {
    Q_OBJECT
public:
    explicit Form(const QString& name, QObject* parent = nullptr);
    ~Form() override;

    QString Name() const { return name_; }
    bool IsLoaded() const { return loaded_; }
    // Counts loads, so work queued during one load never runs in a later one.
    quint64 LoadGeneration() const { return generation_; }

    // Loads the form when it is not loaded: it joins the collection, then Form_Load runs.
    void Load();
    // Runs Form_QueryUnload, then Form_Unload; unless either cancels, the form leaves the
    // collection. Returns whether the form is unloaded afterwards.
    bool Unload(UnloadMode mode = vbFormCode);

    // A form that ends itself is deleted (later, from the event loop) once it is unloaded.
    void SetDeleteOnUnload(bool on) { deleteOnUnload_ = on; }

signals:
    void Unloaded();

protected:
    virtual void Form_Load() {}
    virtual void Form_QueryUnload(int& cancel, UnloadMode mode) {
        Q_UNUSED(cancel);
        Q_UNUSED(mode);
    }
    virtual void Form_Unload(int& cancel) { Q_UNUSED(cancel); }

private:
    QString name_;
    bool loaded_ = false;
    bool unloading_ = false;
    bool deleteOnUnload_ = false;
    quint64 generation_ = 0;
};

// The runtime's collection of loaded forms, in load order.
class Forms {
public:
    static QList<Form*> Loaded();
    static int Count();
    // Called each time an unload leaves no form loaded (a standalone program then ends).
    static void SetOnEmpty(std::function<void()> handler);

private:
    friend class Form;
    static QList<Form*>& list();
    static std::function<void()>& onEmpty();
};

} // namespace platform
