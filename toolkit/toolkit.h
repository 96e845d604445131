// Everything of the toolkit in one include.
#pragma once

#include "toolkit/application.h"
#include "toolkit/combo_box.h"
#include "toolkit/control.h"
#include "toolkit/edit.h"
#include "toolkit/form.h"
#include "toolkit/graphics.h"
#include "toolkit/label.h"
#include "toolkit/panel.h"
#include "toolkit/progress_bar.h"
#include "toolkit/speed_button.h"
#include "toolkit/types.h"
