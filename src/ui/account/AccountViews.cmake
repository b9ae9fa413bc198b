# The sign-in overlay, the settings panel and the update alert with their adapters, part of the
# QML module "Brimolavetrix" (included from the module's own CMakeLists.txt).
set(BRIMO_SUPPORT_EMAIL "support@brimolavetrix.com" CACHE STRING
    "Support address behind the settings panel's \"Contact Us\"")
set(BRIMO_DOWNLOAD_PAGE "https://brimolavetrix.com/download" CACHE STRING
    "Download page the reference web service started by scripts/run announces")

target_sources(brimo_ui PRIVATE
    account/adapters/AccountInputRules.cpp
    account/adapters/AccountInputRules.h
    account/adapters/AccountLinksAdapter.cpp
    account/adapters/AccountLinksAdapter.h
    account/adapters/AuthServiceAdapter.cpp
    account/adapters/AuthServiceAdapter.h
    account/adapters/VersionCheckAdapter.cpp
    account/adapters/VersionCheckAdapter.h
)
set_source_files_properties(account/adapters/AccountLinksAdapter.cpp PROPERTIES
    COMPILE_DEFINITIONS "BRIMO_SUPPORT_EMAIL=\"${BRIMO_SUPPORT_EMAIL}\"")

set(brimo_account_qml_files
    account/qml/AccountLayer.qml
    account/qml/AuthOverlayView.qml
    account/qml/BackdropBlur.qml
    account/qml/BackButton.qml
    account/qml/ErrorBanner.qml
    account/qml/GlassPanelBackground.qml
    account/qml/GlassTextField.qml
    account/qml/GoogleButton.qml
    account/qml/PrimaryButton.qml
    account/qml/ProgressPanel.qml
    account/qml/ResetPasswordPanel.qml
    account/qml/SettingsButton.qml
    account/qml/SettingsPanel.qml
    account/qml/SettingsRow.qml
    account/qml/SignInLayer.qml
    account/qml/Spinner.qml
    account/qml/StepHeader.qml
    account/qml/TextButton.qml
    account/qml/UpdateAlert.qml
    account/qml/UpdateButton.qml
)
foreach(file IN LISTS brimo_account_qml_files)
    get_filename_component(name ${file} NAME)
    set_source_files_properties(${file} PROPERTIES QT_RESOURCE_ALIAS ${name})
endforeach()
qt_target_qml_sources(brimo_ui QML_FILES ${brimo_account_qml_files})
foreach(file IN LISTS brimo_account_qml_files)
    get_filename_component(stem ${file} NAME_WE)
    set_source_files_properties(
        ${CMAKE_CURRENT_BINARY_DIR}/.rcc/qmlcache/brimo_ui_account/qml/${stem}_qml.cpp
        TARGET_DIRECTORY brimo_ui PROPERTIES COMPILE_OPTIONS -Wno-shadow)
endforeach()

target_include_directories(brimo_ui PRIVATE account/adapters)
target_link_libraries(brimo_ui PUBLIC brimo_account brimo_account_input)
