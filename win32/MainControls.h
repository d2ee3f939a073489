// The main window's control identifiers and its window class name. Other programs find the
// window by its class and its controls by these numbers (GetDlgItem), as the tests that drive the
// window do; every control is a child of the window itself, also those drawn inside a group.
#pragma once

// The window class of TMain.
#define TPTUNE_MAIN_CLASS L"TMain"

// None is IDOK (1) or IDCANCEL (2): the dialog keys Enter and Escape send those, and Escape
// stands for no control here.
enum TMainControlId : int {
  idStatTxt = 100,
  idGoldTxt,
  idTPradio,
  idSRVradio,
  idAnaChk,
  idTPGroup,
  idSrvGroup,
  idStartBut,
  idRecordsBut,
  idExitBut,
  idLogMemo,
  idPrcBar,
  idCOM1Txt,
  idCOM1Combo,
  idUpd1But,
  idTPchk,
  idFile1Txt,
  idFile1Combo,
  idBrowse1But,
  idFile2Txt,
  idFile2Combo,
  idBrowse2But,
  idCOM2Txt,
  idCOM2Combo,
  idUpd2But,
  idSrvChk,
  idFile3Txt,
  idFile3Combo,
  idBrowse3But,
};
