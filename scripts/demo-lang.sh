# Sourced by scripts/demo --lang LANG before the Updater runs: the Updater
# then runs in LANG's locale (only its own environment changes; the demo's
# report and the Updater's log stay English).
case $lang in
de) locale=de_DE.UTF-8 ;;
fr) locale=fr_FR.UTF-8 ;;
es) locale=es_ES.UTF-8 ;;
ja) locale=ja_JP.UTF-8 ;;
zh_CN) locale=zh_CN.UTF-8 ;;
*)
    echo "scripts/demo --lang takes de, fr, es, ja or zh_CN" >&2
    exit 2
    ;;
esac
case $lang in ja | zh_CN) install_missing_packages "${UPDATER_CJK_PACKAGES[@]}" ;; esac
echo "== The Updater runs in the $locale locale"
# Qt reads the language from these, so no system locale need be generated;
# they are set for the Updater alone (the same process, started through exec).
cat >"$run/updater-$lang" <<WRAPPER
#!/bin/sh
exec env LC_ALL=$locale LANG=$locale "$updater" "\$@"
WRAPPER
chmod 755 "$run/updater-$lang"
updater=$run/updater-$lang
