// All published interfaces of the retargeting base module.
#pragma once
#include "norvo/characterassociation.h"
#include "norvo/characterbodypart.h"
#include "norvo/characterbodypartsolversetting.h"
#include "norvo/characterdefinition.h"
#include "norvo/characternodeinfo.h"
#include "norvo/characternodetransform.h"
#include "norvo/characterpose.h"
#include "norvo/charactersolver.h"
#include "norvo/charactersolverconfiguration.h"
#include "norvo/charactertree.h"
#include "norvo/retargetbasehelper.h"
