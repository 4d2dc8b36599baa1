#pragma once

#include <QString>

// The texts the panel shows to the operator.
namespace Texts {
inline const QString AppTitle = QStringLiteral("TavrinV1.3prj");
inline const QString WindowCaption = QStringLiteral("Orvessa  V1.3版本      www.tavrin.com ");
inline const QString On = QStringLiteral("开");
inline const QString Off = QStringLiteral("关");
inline const QString ClosePort = QStringLiteral("关闭串口");
inline const QString OpenPort = QStringLiteral("打开串口");
inline const QString PortClosed = QStringLiteral("串口未打开，请检查串口");
inline const QString LinkFault = QStringLiteral("串口通讯不正常，请检查串口");
inline const QString UpgradeReady = QStringLiteral("控制器软件升级准备就绪！请关闭串口，打开AVR下载软件进行下载。");
inline const QString LineSettings = QStringLiteral("9600,n,8,1");
inline const QString SettingsSection = QStringLiteral("Com");
inline const QString SettingsKey = QStringLiteral("PORT");
// Outlet names: key "1" to "12", the value the name.
inline const QString OutletsSection = QStringLiteral("Outlets");
}  // namespace Texts
