#include "UI/Onboarding/RegistrationFormView.h"

#include "UI/Onboarding/AccountWindowStyle.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace quillmere {

using namespace accountstyle;

namespace {

// The service's field names that have a line of their own under their field.
const QStringList fieldsWithALine{QStringLiteral("name"), QStringLiteral("email"), QStringLiteral("password")};

constexpr int columnWidth = 340;

QLineEdit *field(const QString &placeholder, const char *name, bool secret, QWidget *parent)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setPlaceholderText(placeholder);
    if (secret)
        edit->setEchoMode(QLineEdit::Password);
    edit->setMinimumHeight(28);
    return edit;
}

QFrame *separator(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("background: #D1D1D6; border: none;"));
    return line;
}

} // namespace

RegistrationFormView::RegistrationFormView(AccountFlowController &controller, quint64 opening, QWidget *parent)
    : QWidget(parent), m_controller(controller), m_opening(opening)
{
    setObjectName(QStringLiteral("registrationForm"));
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    outer->addWidget(scroll);

    auto *content = new QWidget(scroll);
    auto *stack = new QVBoxLayout(content);
    stack->setSpacing(24);
    stack->setContentsMargins(32, 32, 32, 32);
    stack->setAlignment(Qt::AlignHCenter);
    scroll->setWidget(content);

    // Header
    auto *header = new QVBoxLayout;
    header->setSpacing(8);
    // The waveform, drawn: a glyph such as "◉" reads as a radio button.
    QLabel *mark = waveformSymbol(44, accent, content);
    mark->setObjectName(QStringLiteral("registrationSymbol"));
    header->addWidget(mark, 0, Qt::AlignHCenter);
    auto *title = label(QStringLiteral("Create Your Account"), TextStyle::title2, content);
    title->setObjectName(QStringLiteral("registrationTitle"));
    header->addWidget(title, 0, Qt::AlignHCenter);
    auto *subtitle = label(QStringLiteral("Get started with Quillmere — sync and protect your projects."),
                           TextStyle::callout, content, secondaryText);
    subtitle->setAlignment(Qt::AlignCenter);
    wrapAt(subtitle, 320);
    header->addWidget(subtitle, 0, Qt::AlignHCenter);
    stack->addLayout(header);

    // Web sign-in
    auto *signIns = new QVBoxLayout;
    signIns->setSpacing(10);
    m_apple = new QPushButton(QStringLiteral("Sign in with Apple"), content);
    m_apple->setObjectName(QStringLiteral("appleSignInButton"));
    makeProminent(m_apple, QColor(Qt::black));
    m_google = new QPushButton(QStringLiteral("Sign in with Google"), content);
    m_google->setObjectName(QStringLiteral("googleSignInButton"));
    makeBordered(m_google);
    m_google->setMinimumHeight(38);
    for (QPushButton *button : {m_apple, m_google}) {
        button->setFixedWidth(columnWidth);
        signIns->addWidget(button, 0, Qt::AlignHCenter);
    }
    stack->addLayout(signIns);

    // Divider
    auto *divider = new QHBoxLayout;
    divider->addWidget(separator(content), 1);
    divider->addWidget(label(QStringLiteral("or register with email"), TextStyle::caption, content, secondaryText));
    divider->addWidget(separator(content), 1);
    auto *dividerBox = new QWidget(content);
    dividerBox->setLayout(divider);
    divider->setContentsMargins(0, 0, 0, 0);
    dividerBox->setFixedWidth(columnWidth);
    stack->addWidget(dividerBox, 0, Qt::AlignHCenter);

    // Fields, each with the service's message under it
    auto *fields = new QVBoxLayout;
    fields->setSpacing(14);
    const auto addField = [&](QLineEdit *edit, QLabel **error, const char *errorName) {
        auto *box = new QVBoxLayout;
        box->setSpacing(4);
        edit->setFixedWidth(columnWidth);
        box->addWidget(edit);
        if (error) {
            *error = label(QString(), TextStyle::caption, content, red);
            (*error)->setObjectName(QString::fromLatin1(errorName));
            (*error)->setWordWrap(true);
            (*error)->setFixedWidth(columnWidth);
            (*error)->hide();
            box->addWidget(*error);
        }
        fields->addLayout(box);
    };
    m_name = field(QStringLiteral("Full Name"), "nameField", false, content);
    m_email = field(QStringLiteral("Email"), "emailField", false, content);
    m_password = field(QStringLiteral("Password"), "passwordField", true, content);
    m_confirmation = field(QStringLiteral("Confirm Password"), "passwordConfirmationField", true, content);
    addField(m_name, &m_nameError, "nameError");
    addField(m_email, &m_emailError, "emailError");
    addField(m_password, &m_passwordError, "passwordError");
    addField(m_confirmation, nullptr, nullptr);
    auto *fieldBox = new QWidget(content);
    fieldBox->setLayout(fields);
    fields->setContentsMargins(0, 0, 0, 0);
    stack->addWidget(fieldBox, 0, Qt::AlignHCenter);

    // Error line
    m_errorLine = new QFrame(content);
    m_errorLine->setObjectName(QStringLiteral("registrationErrorLine"));
    m_errorLine->setStyleSheet(QStringLiteral("#registrationErrorLine { background: rgba(255, 149, 0, 26); border-radius: 8px; }"));
    auto *errorRow = new QHBoxLayout(m_errorLine);
    errorRow->setContentsMargins(12, 8, 12, 8);
    errorRow->addWidget(label(QStringLiteral("\u26A0"), TextStyle::body, m_errorLine, orange), 0, Qt::AlignVCenter);
    m_errorText = label(QString(), TextStyle::caption, m_errorLine, secondaryText);
    m_errorText->setObjectName(QStringLiteral("registrationErrorMessage"));
    m_errorText->setWordWrap(true);
    errorRow->addWidget(m_errorText, 1, Qt::AlignVCenter);
    m_errorLine->setFixedWidth(columnWidth);
    m_errorLine->hide();
    stack->addWidget(m_errorLine, 0, Qt::AlignHCenter);

    // Create Account, with a busy bar while a request runs
    m_create = new QPushButton(QStringLiteral("Create Account"), content);
    m_create->setObjectName(QStringLiteral("createAccountButton"));
    makeProminent(m_create);
    m_create->setFixedWidth(columnWidth);
    stack->addWidget(m_create, 0, Qt::AlignHCenter);
    m_busy = new QProgressBar(content);
    m_busy->setObjectName(QStringLiteral("registrationBusy"));
    m_busy->setRange(0, 0);
    m_busy->setTextVisible(false);
    m_busy->setFixedSize(120, 6);
    stack->addWidget(m_busy, 0, Qt::AlignHCenter);
    stack->addStretch(1);

    connect(m_create, &QPushButton::clicked, this, &RegistrationFormView::createAccount);
    connect(m_apple, &QPushButton::clicked, this, [this] { signIn(true); });
    connect(m_google, &QPushButton::clicked, this, [this] { signIn(false); });
    for (QLineEdit *edit : {m_name, m_email, m_password, m_confirmation})
        connect(edit, &QLineEdit::textChanged, this, &RegistrationFormView::refresh);
    connect(&m_controller, &AccountFlowController::busyChanged, this, &RegistrationFormView::refresh);
    connect(&m_controller, &AccountFlowController::finished, this, &RegistrationFormView::showFailure);
    refresh();
}

bool RegistrationFormView::isFormValid() const
{
    return !m_name->text().isEmpty() && !m_email->text().isEmpty() && !m_password->text().isEmpty()
           && !m_confirmation->text().isEmpty();
}

bool RegistrationFormView::isLoading() const
{
    return m_controller.isBusy();
}

void RegistrationFormView::createAccount()
{
    if (isLoading() || !isFormValid())
        return;
    m_errorMessage.reset();
    m_fieldErrors.clear();
    RegistrationAPIClient::Registration form{m_name->text(), m_email->text(), m_password->text(),
                                             m_confirmation->text()};
    m_controller.registerAccount(m_opening, std::move(form));
    refresh();
}

void RegistrationFormView::signIn(bool apple)
{
    if (isLoading())
        return;
    // The field messages of an earlier registration stay.
    m_errorMessage.reset();
    if (apple)
        m_controller.signInWithApple(m_opening);
    else
        m_controller.signInWithGoogle(m_opening);
    refresh();
}

void RegistrationFormView::showFailure(quint64 opening, const AccountFlowController::Outcome &outcome)
{
    if (opening != m_opening || outcome.kind != AccountFlowController::Outcome::Kind::failed)
        return;
    if (outcome.fieldErrors) {
        m_fieldErrors = *outcome.fieldErrors;
        m_errorMessage.reset();
        // A field the form has no line for (the confirmation, the device name) is named on the
        // general line: a refusal is never silent. (The controller keeps only fields with a
        // message, and says "Validation failed." when none has one.)
        QStringList elsewhere;
        for (const auto &[field, messages] : m_fieldErrors) {
            if (!fieldsWithALine.contains(field))
                elsewhere.append(messages);
        }
        if (!elsewhere.isEmpty())
            m_errorMessage = elsewhere.join(QLatin1Char(' '));
    } else {
        m_errorMessage = outcome.message;
    }
    refresh();
}

void RegistrationFormView::refresh()
{
    const bool loading = isLoading();
    m_apple->setEnabled(!loading);
    m_google->setEnabled(!loading);
    m_create->setEnabled(!loading && isFormValid());
    m_busy->setVisible(loading);

    const auto showField = [this](QLabel *error, const char *key) {
        const auto found = m_fieldErrors.find(QString::fromLatin1(key));
        const bool shown = found != m_fieldErrors.end() && !found->second.isEmpty();
        error->setText(shown ? found->second.first() : QString());
        error->setVisible(shown);
    };
    showField(m_nameError, "name");
    showField(m_emailError, "email");
    showField(m_passwordError, "password");

    m_errorText->setText(m_errorMessage.value_or(QString()));
    m_errorLine->setVisible(m_errorMessage.has_value());
}

} // namespace quillmere
