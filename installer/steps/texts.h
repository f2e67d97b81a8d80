// The Chinese texts of the run and of the install menus, in UTF-8 as they stand in the source.
// The console writes them as GBK; every one of them is listed in all_texts so that a test can
// prove each has a GBK form (a text without one would end the run at the moment it is shown).
#pragma once

namespace txt {

// the rule printed before the version line, the menus and the download (no Chinese: not in
// all_texts)
inline constexpr char banner[] = "\n\n###########################################";

// identification
inline constexpr char not_match[] = "###固件错误(Device Not Match)!\n";
inline constexpr char exit_line[] = "###退出(Exit)!\n";

// the current-system banner of the other families: the heading, then one of the three names
inline constexpr char current_system[] = "\n###Tessaro系统升级，当前系统：";
inline constexpr char name_dual[] = "双系统\n";
inline constexpr char name_second[] = "Tessaro系统\n";
inline constexpr char name_native[] = "原生系统\n";

// endings
inline constexpr char done_line[] = "\n###完成！\n";
inline constexpr char done_rebooting[] = "\n###完成！Rebooting!\n";
inline constexpr char restarting[] = "\n###系统重启...";
inline constexpr char resetting[] = "\n###系统重置...";

// menu headers
inline constexpr char head_second_upgrade[] = "\n###Tessaro系统升级";
inline constexpr char head_first_install[] = "\n###第一次安装系统选择：“2.升级&重置”";
inline constexpr char head_ten_minutes[] = "\n###升级过程约10分钟”";
inline constexpr char head_native_upgrade[] = "\n###原生系统升级";
inline constexpr char head_upgrade[] = "\n###系统升级";
inline constexpr char head_first_install_second[] = "\n###第一次安装Tessaro系统选择：“2.升级&重置”";

// menu options
inline constexpr char opt_upgrade[] = "###1.升级(Upgrade)；";
inline constexpr char opt_upgrade_wipe[] = "###2.升级&重置(Upgrade&Wipe)；";
inline constexpr char opt_exit[] = "###0.退出(Exit)。";
inline constexpr char opt_rq3_upgrade_second[] = "###1.升级Tessaro(Upgrade Tessaro)；";
inline constexpr char opt_rq3_upgrade_wipe_second[] =
    "###2.升级Tessaro&重置(Upgrade&Wipe Tessaro)；";
inline constexpr char opt_restore_native[] = "###3.恢复原生系统(Pagora)；";
inline constexpr char opt_upgrade_second[] = "###1.升级Tessaro(Upgrade)；";
inline constexpr char opt_upgrade_wipe_second[] = "###2.升级Tessaro&重置(Upgrade&Wipe)；";
inline constexpr char opt_convert_second[] = "###3.转换为Tessaro系统(Tessaro)；";
inline constexpr char opt_convert_native[] = "###4.转换为原始系统(Pagora)；";

// menu prompts
inline constexpr char prompt_0_1[] = "###请选择(0-1):";
inline constexpr char prompt_0_2[] = "###请选择(0-2):";
inline constexpr char prompt_0_3[] = "###请选择(0-3):";
inline constexpr char prompt_0_4[] = "###请选择(0-4):";

// the download preamble's target banner, one per install target
inline constexpr char downloading_dual[] = "\n###双系统！Downloading!";
inline constexpr char downloading_second[] = "\n###Tessaro系统！Downloading!";
inline constexpr char downloading_native[] = "\n###原生系统！Downloading!";

inline constexpr const char* all_texts[] = {
    not_match,
    exit_line,
    current_system,
    name_dual,
    name_second,
    name_native,
    done_line,
    done_rebooting,
    restarting,
    resetting,
    head_second_upgrade,
    head_first_install,
    head_ten_minutes,
    head_native_upgrade,
    head_upgrade,
    head_first_install_second,
    opt_upgrade,
    opt_upgrade_wipe,
    opt_exit,
    opt_rq3_upgrade_second,
    opt_rq3_upgrade_wipe_second,
    opt_restore_native,
    opt_upgrade_second,
    opt_upgrade_wipe_second,
    opt_convert_second,
    opt_convert_native,
    prompt_0_1,
    prompt_0_2,
    prompt_0_3,
    prompt_0_4,
    downloading_dual,
    downloading_second,
    downloading_native,
};

}  // namespace txt
