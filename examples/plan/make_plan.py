#!/usr/bin/env python3
"""Writes the sample load plan of this folder and its two pack images.

The plan is written with the placeholder as its check value; sign it then:

    python3 examples/plan/make_plan.py
    ./build/default/bin/vorlane-plan sign examples/plan/Vorlane.ini
    ./build/default/bin/vorlane-plan check examples/plan

Texts are Windows-1252 bytes with CR LF line ends, as plans written on
Windows are. The images are small and deterministic: a 256-byte header part
(layout selector 0x0200 at offset 64, 0x20 at offset 136), the version text
in bytes 256 to 511, then a filler pattern.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def image(size, kind, version, seed):
    data = bytearray(size)
    data[0:8] = kind.ljust(8, b"\0")
    data[64:66] = (0x0200).to_bytes(2, "little")
    data[136] = 0x20
    data[256:256 + len(version)] = version
    value = seed
    for i in range(512, size):
        value = (value * 1103515245 + 12345) & 0x7FFFFFFF
        data[i] = value >> 16 & 0xFF
    return bytes(data)


PLAN = """\
[PRODUCT_TYPE]
CommercialName=Kerlys KV-30
ReaderImagePng=
MaxRegistryName=2
RegistryName1=Kerlys KV-30 USB Serial
RegistryName2=KV30CDC
EnableSerialPorts=0
[LOAD_PARAM]
Titre=Mise à jour du lecteur Kerlys KV-30
Copyright=© 2026 Kerlys Systèmes - Tous droits réservés
[LOAD1]
Libelle=Mise à jour 2.14 du lecteur KV-30
DescriptionDetaillee=Cette mise à jour installe le micrologiciel 2.14.0\\net l'application SESAM-Vitale 1.40.3.\\nNe débranchez pas le lecteur pendant le chargement.
EraseDF=0
QuestionErasseDF=
MessageAvantChargement=Le lecteur va redémarrer pendant la mise à jour.\\nVoulez-vous continuer ?
MsgErrVersion=La version du lecteur ne permet pas cette mise à jour.\\nVeuillez contacter votre revendeur.
fichierTexte=LisezMoi.txt
PackMaxNumber=2
Pack1=kv30_firmware.bin
PackAttribut1=0
PackVerifierVersion1=0
Delay1=2000
Pack2=kv30_application.bin
PackAttribut2=1
PackVerifierVersion2=0
Delay2=1000
[HALVOR_OPTIONS]
CheckValue=KWOLPEBU
"""

README = """\
Mise à jour du lecteur Kerlys KV-30 terminée.
Micrologiciel : 2.14.0
Application SESAM-Vitale : 1.40.3
Vous pouvez relancer votre logiciel de santé.
"""


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as out:
        out.write(data)


def main():
    write("kv30_firmware.bin",
          image(3072, b"KV30FW", b"KV-30 FIRMWARE 2.14.0 2026-11-02", 0x3A17))
    write("kv30_application.bin",
          image(2048, b"KV30APP", b"KV-30 SESAM-VITALE 1.40.3 2026-10-15", 0x51C2))
    write("Vorlane.ini", PLAN.replace("\n", "\r\n").encode("cp1252"))
    write("LisezMoi.txt", README.replace("\n", "\r\n").encode("cp1252"))


if __name__ == "__main__":
    main()
